#pragma once
// The application's delegate: brings the main window back when the running
// application is opened again after its window was closed.
#include <QObject>

class AppDelegate : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    void applicationDidFinishLaunching() {}
    void applicationWillTerminate() {}
    // Shows every main window again and makes it the active one; panels and
    // dialogs are left alone. Always true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
};
