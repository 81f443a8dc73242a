#pragma once
// The one main window: the layout from MainWindow.ui, its controls handed to
// the controller as outlets, and the controller's actions wired to them.
#include <QMainWindow>
#include <memory>

#include "ui/qt/QtControls.h"
#include "ui/qt/QtOptionsSection.h"

namespace Ui {
class MainWindow;
}
class QFileSystemWatcher;
class QLabel;
class QProgressBar;
class QTimer;
class ViewController;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    std::shared_ptr<ViewController> controller() const { return viewController; }

    // A package named from outside (the command line, a second start): opened
    // as if chosen in the chooser, unless work is running, which it would end.
    void openPackage(const QString& path);
    // True when nothing runs, or the user agreed to throw the running work away.
    bool mayDiscardRunningWork();
    // The dialogs of the Signing menu.
    void showManageIdentities();
    void showProfileDetails();
    void showAbout();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectOutlets();
    void connectActions();
    void updateTitle();
    // Everything dropped anywhere on the window: each local file goes to the
    // controller, which opens, imports or installs it, or says what it takes.
    void takeDrop(const class QMimeData* data);
    // Watches the folder of installed profiles, or the nearest folder above
    // it while it does not exist yet.
    void watchProfilesFolder();

    std::unique_ptr<Ui::MainWindow> form;
    std::shared_ptr<ViewController> viewController;
    QProgressBar* busyIndicator = nullptr;
    QLabel* busyText = nullptr;
    std::unique_ptr<ui::qt::QtProgressIndicator> progressIndicator;
    QFileSystemWatcher* profilesWatcher = nullptr;
    QTimer* profilesChanged = nullptr;  // gathers a burst of changes into one reading
    QTimer* formChanged = nullptr;      // the verdict once typing pauses
    bool shownBefore = false;

    ui::qt::QtTextField ipaPathField, appNameField, destinationPathField, bundleIdField;
    ui::qt::QtButton browseIpaPathButton, browseDestinationPathButton, cacheFolderButton, resignButton,
        cleanButton, bundleIdFromFieldRadio, bundleIdFromProfileRadio, cancelButton, importIdentityButton;
    std::unique_ptr<ui::qt::QtStatusLine> verdictLine;
    std::unique_ptr<ui::qt::QtComboBox> certificateComboBox, provisioningComboBox;
    ui::qt::QtTextView logField;
    ui::qt::QtOptionsSection* optionsSection = nullptr;  // under the form; the window owns it
    ui::qt::QtWindow windowServices;
};
