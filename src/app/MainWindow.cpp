#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QStatusBar>
#include <QUrl>

#include "ui/ViewController.h"
#include "ui_MainWindow.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      form(std::make_unique<Ui::MainWindow>()),
      viewController(ViewController::create()),
      ipaPathField(nullptr),
      appNameField(nullptr),
      destinationPathField(nullptr),
      bundleIdField(nullptr),
      browseIpaPathButton(nullptr),
      browseDestinationPathButton(nullptr),
      cacheFolderButton(nullptr),
      resignButton(nullptr),
      cleanButton(nullptr),
      bundleIdFromFieldRadio(nullptr),
      bundleIdFromProfileRadio(nullptr),
      logField(nullptr),
      windowServices(this) {
    form->setupUi(this);
    form->logField->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    busyIndicator = new QProgressBar(this);
    busyIndicator->setRange(0, 0);  // no steps to count: just "working"
    busyIndicator->setMaximumWidth(160);
    busyIndicator->setMaximumHeight(14);
    busyIndicator->setTextVisible(false);
    busyIndicator->setToolTip(tr("Working…"));
    busyIndicator->hide();
    busyText = new QLabel(this);
    busyText->setObjectName("busyText");
    busyText->hide();
    statusBar()->addWidget(busyText, 1);
    statusBar()->addPermanentWidget(busyIndicator);
    progressIndicator = std::make_unique<ui::qt::QtProgressIndicator>(busyIndicator, busyText);

    connectOutlets();
    connectActions();
    updateTitle();
    viewController->viewDidLoad();
}

MainWindow::~MainWindow() {
    // Late lines and callbacks may still reach the controller: leave it no
    // control that is about to go.
    auto& c = *viewController;
    c.setIpaPathField(nullptr);
    c.setBrowseIpaPathButton(nullptr);
    c.setCertificateComboBox(nullptr);
    c.setProvisioningComboBox(nullptr);
    c.setAppNameField(nullptr);
    c.setDestinationPathField(nullptr);
    c.setBrowseDestinationPathButton(nullptr);
    c.setBundleIdField(nullptr);
    c.setCacheFolderButton(nullptr);
    c.setResignButton(nullptr);
    c.setCleanButton(nullptr);
    c.setLogField(nullptr);
    c.setView(nullptr);
    c.setProgressIndicator(nullptr);
}

void MainWindow::connectOutlets() {
    ipaPathField = ui::qt::QtTextField(form->ipaPathField);
    appNameField = ui::qt::QtTextField(form->appNameField);
    destinationPathField = ui::qt::QtTextField(form->destinationPathField);
    bundleIdField = ui::qt::QtTextField(form->bundleIdField);
    browseIpaPathButton = ui::qt::QtButton(form->browseIpaPathButton);
    browseDestinationPathButton = ui::qt::QtButton(form->browseDestinationPathButton);
    cacheFolderButton = ui::qt::QtButton(form->cacheFolderButton);
    resignButton = ui::qt::QtButton(form->resignButton);
    cleanButton = ui::qt::QtButton(form->cleanButton);
    bundleIdFromFieldRadio = ui::qt::QtButton(form->bundleIdFromFieldRadio);
    bundleIdFromProfileRadio = ui::qt::QtButton(form->bundleIdFromProfileRadio);
    certificateComboBox = std::make_unique<ui::qt::QtComboBox>(form->certificateComboBox, viewController);
    provisioningComboBox = std::make_unique<ui::qt::QtComboBox>(form->provisioningComboBox, viewController);
    logField = ui::qt::QtTextView(form->logField);

    auto& c = *viewController;
    c.setIpaPathField(&ipaPathField);
    c.setBrowseIpaPathButton(&browseIpaPathButton);
    c.setCertificateComboBox(certificateComboBox.get());
    c.setProvisioningComboBox(provisioningComboBox.get());
    c.setAppNameField(&appNameField);
    c.setDestinationPathField(&destinationPathField);
    c.setBrowseDestinationPathButton(&browseDestinationPathButton);
    c.setBundleIdField(&bundleIdField);
    c.setCacheFolderButton(&cacheFolderButton);
    c.setResignButton(&resignButton);
    c.setCleanButton(&cleanButton);
    c.setLogField(&logField);
    c.setView(&windowServices);
    c.setProgressIndicator(progressIndicator.get());
}

void MainWindow::connectActions() {
    // The actions hold the controller weakly: the window owns it.
    std::weak_ptr<ViewController> weak = viewController;
    auto action = [weak](void (ViewController::*member)()) {
        return [weak, member] {
            if (auto c = weak.lock()) ((*c).*member)();
        };
    };
    connect(form->browseIpaPathButton, &QPushButton::clicked, this, action(&ViewController::browseIPAFilePathButtonAction));
    connect(form->openAction, &QAction::triggered, this, [this, weak] {
        auto c = weak.lock();
        if (c && form->browseIpaPathButton->isEnabled()) c->browseIPAFilePathButtonAction();
    });
    connect(form->browseDestinationPathButton, &QPushButton::clicked, this,
            action(&ViewController::browseDestinationPathButtonAction));
    connect(form->resignButton, &QPushButton::clicked, this, action(&ViewController::resignClick));
    connect(form->cleanButton, &QPushButton::clicked, this, action(&ViewController::cleanClick));
    connect(form->cacheFolderButton, &QPushButton::clicked, this, action(&ViewController::openCacheFolderClick));
    // Only a click sends the action, as with a radio group: the button that
    // was turned off by it stays quiet.
    connect(form->bundleIdFromFieldRadio, &QRadioButton::clicked, this, [this, weak] {
        if (auto c = weak.lock()) c->bundleIdRadioAction(bundleIdFromFieldRadio);
    });
    connect(form->bundleIdFromProfileRadio, &QRadioButton::clicked, this, [this, weak] {
        if (auto c = weak.lock()) c->bundleIdRadioAction(bundleIdFromProfileRadio);
    });
    connect(form->closeAction, &QAction::triggered, this, &QWidget::close);
    connect(form->quitAction, &QAction::triggered, this, [this] {
        if (mayDiscardRunningWork()) QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    connect(form->ipaPathField, &QLineEdit::textChanged, this, &MainWindow::updateTitle);
    // The busy indicator follows the form lock, whose last step is the Resign button.
    form->resignButton->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form->resignButton && event->type() == QEvent::EnabledChange) {
        const bool busy = !form->resignButton->isEnabled();
        busyIndicator->setVisible(busy);
        busyText->setVisible(busy);
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::updateTitle() {
    QString name = QFileInfo(form->ipaPathField->text()).fileName();
    setWindowTitle(name.isEmpty() ? tr("IPA Resigner") : tr("%1 — IPA Resigner").arg(name));
}

bool MainWindow::mayDiscardRunningWork() {
    if (!viewController->isWorking()) return true;
    QMessageBox ask(QMessageBox::Warning, tr("IPA Resigner"),
                    tr("A package is still being unpacked or re-signed. Closing the window throws that work away."),
                    QMessageBox::NoButton, this);
    ask.setObjectName("discardRunningWork");
    QPushButton* discard = ask.addButton(tr("Throw Away"), QMessageBox::DestructiveRole);
    QPushButton* keep = ask.addButton(tr("Keep Working"), QMessageBox::RejectRole);
    ask.setDefaultButton(keep);
    ask.setEscapeButton(keep);
    ask.exec();
    return ask.clickedButton() == discard;
}

void MainWindow::openPackage(const QString& path) {
    if (!form->browseIpaPathButton->isEnabled()) {
        viewController->addLog("Not opened while work is running: " + path.toStdString() +
                                   " (open it again once the log shows the work has ended)",
                               ViewController::LogColor::red);
        return;
    }
    viewController->openPackageAtPath(path.toStdString());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!mayDiscardRunningWork()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) viewController->viewDidDisappear();
}

QString MainWindow::droppedPackage(const QMimeData* data) const {
    if (!data || !data->hasUrls() || data->urls().size() != 1) return {};
    const QUrl url = data->urls().front();
    if (!url.isLocalFile()) return {};
    QFileInfo info(url.toLocalFile());
    if (info.suffix().compare("ipa", Qt::CaseInsensitive) != 0 || !info.isFile()) return {};
    return info.absoluteFilePath();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    // A drop opens the package as the chooser would, so only while the
    // chooser could be used.
    if (form->browseIpaPathButton->isEnabled() && !droppedPackage(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    QString path = droppedPackage(event->mimeData());
    if (path.isEmpty() || !form->browseIpaPathButton->isEnabled()) return;
    event->acceptProposedAction();
    viewController->openPackageAtPath(path.toUtf8().toStdString());
}
