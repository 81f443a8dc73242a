#include "app/AppDelegate.h"

#include <QApplication>
#include <QWidget>

#include "app/MainWindow.h"

bool AppDelegate::applicationShouldHandleReopen(bool) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        // Exactly the main window class: dialogs and choosers stay as they are.
        if (widget->metaObject() != &MainWindow::staticMetaObject) continue;
        widget->setVisible(true);
        widget->showNormal();
        widget->raise();
        widget->activateWindow();
    }
    return true;
}
