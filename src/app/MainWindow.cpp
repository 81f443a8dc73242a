#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileSystemWatcher>
#include <QFormLayout>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>
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

#include "system/QFFileHelper.h"
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
      cancelButton(nullptr),
      importIdentityButton(nullptr),
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

    optionsSection = new ui::qt::QtOptionsSection(form->centralWidget);
    form->mainLayout->insertWidget(form->mainLayout->indexOf(form->verdictLabel), optionsSection);

    form->cancelButton->hide();
    form->importIdentityButton->hide();
    profilesChanged = new QTimer(this);
    profilesChanged->setSingleShot(true);
    profilesChanged->setInterval(300);
    formChanged = new QTimer(this);
    formChanged->setSingleShot(true);
    formChanged->setInterval(250);
    profilesWatcher = new QFileSystemWatcher(this);

    connectOutlets();
    connectActions();
    updateTitle();
    viewController->viewDidLoad();
    watchProfilesFolder();
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
    c.setCancelButton(nullptr);
    c.setImportIdentityButton(nullptr);
    c.setVerdictLine(nullptr);
    c.setOptionsSection(nullptr);
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
    cancelButton = ui::qt::QtButton(form->cancelButton);
    importIdentityButton = ui::qt::QtButton(form->importIdentityButton);
    verdictLine = std::make_unique<ui::qt::QtStatusLine>(form->verdictLabel);

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
    c.setCancelButton(&cancelButton);
    c.setImportIdentityButton(&importIdentityButton);
    c.setVerdictLine(verdictLine.get());
    c.setOptionsSection(optionsSection);
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

    connect(form->cancelButton, &QPushButton::clicked, this, action(&ViewController::cancelClick));
    connect(form->importIdentityButton, &QPushButton::clicked, this, action(&ViewController::importIdentityClick));
    connect(form->importIdentityAction, &QAction::triggered, this, action(&ViewController::importIdentityClick));
    connect(form->installProfileButton, &QPushButton::clicked, this, action(&ViewController::installProfileClick));
    connect(form->installProfileAction, &QAction::triggered, this, action(&ViewController::installProfileClick));
    connect(form->refreshAction, &QAction::triggered, this, action(&ViewController::refreshLists));
    connect(form->manageIdentitiesButton, &QPushButton::clicked, this, &MainWindow::showManageIdentities);
    connect(form->manageIdentitiesAction, &QAction::triggered, this, &MainWindow::showManageIdentities);
    connect(form->profileDetailsButton, &QPushButton::clicked, this, &MainWindow::showProfileDetails);
    connect(form->profileDetailsAction, &QAction::triggered, this, &MainWindow::showProfileDetails);
    connect(form->aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
    connect(form->logField, &QTextBrowser::anchorClicked, this, [weak](const QUrl& url) {
        if (auto c = weak.lock()) c->openResultFolder(url.toLocalFile().toStdString());
    });

    // The verdict follows the form.
    connect(form->certificateComboBox, &QComboBox::currentIndexChanged, this,
            action(&ViewController::certificateSelectionChanged));
    connect(form->provisioningComboBox, &QComboBox::currentIndexChanged, this, [weak] {
        if (auto c = weak.lock()) c->profileSelectionChanged(false);
    });
    connect(form->provisioningComboBox, &QComboBox::activated, this, [weak] {
        if (auto c = weak.lock()) c->profileSelectionChanged(true);
    });
    for (QLineEdit* field : {form->appNameField, form->bundleIdField, form->destinationPathField})
        connect(field, &QLineEdit::textEdited, formChanged, qOverload<>(&QTimer::start));
    connect(form->bundleIdFromFieldRadio, &QRadioButton::clicked, formChanged, qOverload<>(&QTimer::start));
    connect(form->bundleIdFromProfileRadio, &QRadioButton::clicked, formChanged, qOverload<>(&QTimer::start));
    connect(formChanged, &QTimer::timeout, this, action(&ViewController::updateVerdict));
    optionsSection->onChooseIcon = action(&ViewController::chooseIconClick);
    optionsSection->onAddLibrary = action(&ViewController::addLibraryClick);
    optionsSection->onChanged = [this] { formChanged->start(); };

    // Profiles copied into their folder while the window is open are listed.
    connect(profilesWatcher, &QFileSystemWatcher::directoryChanged, profilesChanged, qOverload<>(&QTimer::start));
    connect(profilesChanged, &QTimer::timeout, this, [this, weak] {
        watchProfilesFolder();
        if (auto c = weak.lock()) {
            c->getProvisioningProfiles();
            c->updateVerdict();
        }
    });

    // A drop on a text field goes where a drop on the window goes: a file's
    // address is never pasted as text.
    for (QWidget* field : findChildren<QLineEdit*>()) field->installEventFilter(this);
    form->logField->viewport()->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form->resignButton && event->type() == QEvent::EnabledChange) {
        const bool busy = !form->resignButton->isEnabled();
        busyIndicator->setVisible(busy);
        busyText->setVisible(busy);
        // When the work ends, Space and Return go to Resign again, not to
        // whatever button the focus fell to while the form was locked.
        if (!busy) form->resignButton->setFocus(Qt::OtherFocusReason);
    }
    const auto type = event->type();
    if ((type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) && watched != this) {
        auto* drag = static_cast<QDropEvent*>(event);
        if (!drag->mimeData() || !drag->mimeData()->hasUrls()) return false;  // typed text stays text
        drag->acceptProposedAction();
        if (type == QEvent::Drop) takeDrop(drag->mimeData());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::takeDrop(const QMimeData* data) {
    if (!data) return;
    if (!data->hasUrls()) {
        viewController->addLog(
            "Not taken: the window takes files only: an .ipa package to re-sign, a .p12 signing identity to import, "
            "or a .mobileprovision profile to install.",
            ViewController::LogColor::red);
        return;
    }
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) {
            viewController->addLog("Not taken: " + url.toString().toStdString() +
                                       " is not a file on this computer. The window takes an .ipa package, a .p12 "
                                       "signing identity or a .mobileprovision profile.",
                                   ViewController::LogColor::red);
            continue;
        }
        viewController->openFile(QFileInfo(url.toLocalFile()).absoluteFilePath().toStdString());
    }
}

void MainWindow::watchProfilesFolder() {
    if (!profilesWatcher) return;
    if (!profilesWatcher->directories().isEmpty()) profilesWatcher->removePaths(profilesWatcher->directories());
    QString folder = QString::fromStdString(QFFileHelper::provisioningProfilesFolder());
    while (!QFileInfo(folder).isDir() && folder.size() > 1) folder = QFileInfo(folder).path();
    profilesWatcher->addPath(folder);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (event->spontaneous()) return;
    // Shown again after it was closed: what was imported or installed in the
    // meantime is listed.
    if (shownBefore) {
        watchProfilesFolder();
        viewController->refreshLists();
    }
    shownBefore = true;
}

void MainWindow::showAbout() {
    QMessageBox::about(this, tr("About IPA Resigner"),
                       tr("<b>IPA Resigner %1</b><p>Re-signs iOS application packages (.ipa) with your own signing "
                          "identity and provisioning profile.</p><p>Closing the window keeps the application "
                          "running; File &gt; Quit ends it.</p>")
                           .arg(QString::fromUtf8(IPA_VERSION)));
}

void MainWindow::showProfileDetails() {
    auto profile = viewController->selectedProfile();
    if (!profile) {
        viewController->addLog("Choose a provisioning profile first: its details are shown then.",
                               ViewController::LogColor::orange);
        return;
    }
    QDialog dialog(this);
    dialog.setObjectName("profileDetails");
    dialog.setWindowTitle(tr("Profile Details"));
    auto* layout = new QFormLayout(&dialog);
    for (const auto& [label, value] : ViewController::profileDetails(*profile)) {
        auto* text = new QLabel(QString::fromStdString(value), &dialog);
        text->setObjectName(QString::fromStdString(label));
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addRow(tr("%1:").arg(QString::fromStdString(label)), text);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addRow(buttons);
    dialog.exec();
}

void MainWindow::showManageIdentities() {
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName("manageIdentities");
    dialog->setWindowTitle(tr("Signing Identities"));
    dialog->resize(640, 300);
    auto* layout = new QVBoxLayout(dialog);
    auto* table = new QTableWidget(0, 4, dialog);
    table->setObjectName("identityTable");
    table->setHorizontalHeaderLabels({tr("Identity"), tr("Team"), tr("Expires"), tr("Valid")});
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->verticalHeader()->hide();
    layout->addWidget(table);
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* importButton = buttons->addButton(tr("&Import…"), QDialogButtonBox::ActionRole);
    QPushButton* removeButton = buttons->addButton(tr("&Remove…"), QDialogButtonBox::DestructiveRole);
    removeButton->setObjectName("removeIdentityButton");
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);

    auto records = std::make_shared<std::vector<ViewController::IdentityRecord>>();
    QPointer<QTableWidget> guard = table;
    auto reload = std::make_shared<std::function<void()>>();
    std::weak_ptr<ViewController> weak = viewController;
    *reload = [guard, records, weak] {
        auto c = weak.lock();
        if (!c) return;
        c->loadIdentityRecords([guard, records](std::vector<ViewController::IdentityRecord> loaded) {
            if (!guard) return;
            *records = std::move(loaded);
            guard->setRowCount(static_cast<int>(records->size()));
            for (int row = 0; row < static_cast<int>(records->size()); ++row) {
                const auto& r = (*records)[static_cast<size_t>(row)];
                guard->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(r.name)));
                guard->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(r.team)));
                guard->setItem(row, 2, new QTableWidgetItem(QString::fromStdString(r.expires)));
                guard->setItem(row, 3, new QTableWidgetItem(r.problem.empty() ? tr("yes")
                                                                             : tr("no: %1").arg(QString::fromStdString(r.problem))));
            }
            guard->setProperty("loaded", true);
        });
    };
    connect(removeButton, &QPushButton::clicked, dialog, [guard, records, reload, weak] {
        auto c = weak.lock();
        if (!c || !guard) return;
        int row = guard->currentRow();
        if (row < 0 || static_cast<size_t>(row) >= records->size()) return;
        guard->setProperty("loaded", false);
        c->removeIdentity((*records)[static_cast<size_t>(row)], [reload] { (*reload)(); });
    });
    connect(importButton, &QPushButton::clicked, dialog, [reload, weak] {
        if (auto c = weak.lock()) c->importIdentityClick();
        // The import's end reads the list again; this view follows shortly.
        QTimer::singleShot(1500, [reload] { (*reload)(); });
    });
    connect(dialog, &QDialog::finished, dialog, [reload] { *reload = nullptr; });
    (*reload)();
    dialog->show();
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

void MainWindow::openPackage(const QString& path) { viewController->openPackageWhenIdle(path.toStdString()); }

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!mayDiscardRunningWork()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) viewController->viewDidDisappear();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    // Every drop is taken, so that what the window cannot use is answered
    // with a line saying what it takes.
    if (event->mimeData() && (event->mimeData()->hasUrls() || event->mimeData()->hasText())) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    event->acceptProposedAction();
    takeDrop(event->mimeData());
}
