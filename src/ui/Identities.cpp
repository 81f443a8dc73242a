// Signing identities and profiles set up from the window: importing an
// identity through the security command as a terminal would, listing and
// removing identities, installing a profile file.
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <regex>
#include <sstream>

#include "crypto/Certificate.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"
#include "system/QFFileHelper.h"
#include "ui/ViewController.h"

namespace {

// The password reaches the security command in its environment, never on
// its command line (which every user of the machine can read) nor in a log.
constexpr const char* kPasswordVariable = "IPA_RESIGNER_IMPORT_PASSWORD";

// The tool's lines without its "security: import: " prefixes, on one line.
std::string toolMessage(const std::string& output) {
    std::string joined;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        for (const char* prefix : {"security: ", "import: ", "delete-identity: ", "find-identity: "})
            if (line.rfind(prefix, 0) == 0) line.erase(0, std::string(prefix).size());
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) continue;
        joined += (joined.empty() ? "" : " ") + line;
    }
    return joined;
}

std::string expiryOf(const X509* certificate) {
    std::tm parts{};
    if (!certificate || ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &parts) != 1) return "";
    char text[16];
    return std::strftime(text, sizeof text, "%Y-%m-%d", &parts) ? text : "";
}

using Records = std::vector<ViewController::IdentityRecord>;

// Fills team and expiry of records[index] onwards from each certificate, one
// security command at a time, then hands the records over.
void fillCertificates(std::shared_ptr<Records> records, size_t index,
                      std::function<void(std::vector<ViewController::IdentityRecord>)> done) {
    if (index >= records->size()) {
        if (done) done(std::move(*records));
        return;
    }
    auto next = [records, index, done](int status, const std::string& pem) {
        auto& record = (*records)[index];
        auto ders = status == 0 ? crypto::certificatesInPem(pem) : std::vector<std::string>{};
        if (!ders.empty())
            if (auto certificate = crypto::certificateFromDer(ders.front())) {
                record.team = crypto::nameEntryText(X509_get_subject_name(certificate->get()), NID_organizationalUnitName);
                record.expires = expiryOf(certificate->get());
            }
        fillCertificates(records, index + 1, done);
    };
    QFToolLaunchRequest request{QFToolPaths::current().security,
                                QFToolCommands::identityCertificate((*records)[index].sha1), "", true, {}};
    if (!QFLaunchTool(request, [next](QFToolLaunchResult result) {
            next(result.status, platform::text::decodeUtf8Lossy(result.output));
        }))
        platform::MainQueue::async([next] { next(-1, ""); });
}

}  // namespace

void ViewController::importIdentityClick() {
    if (auto path = chooseOne(true, {"p12", "pfx"}, "Choose the signing identity to import",
                              "Signing identities (PKCS#12)"))
        importIdentityAtPath(*path);
}

void ViewController::importIdentityAtPath(const std::string& path) {
    if (!_view) return;
    auto password = _view->askForPassword(path);
    if (!password) return;  // the user closed the question: nothing to say
    const std::string shown = platform::path::lastPathComponent(path);
    const std::string security = QFToolPaths::current().security;
    QFToolLaunchRequest request{security, QFToolCommands::importIdentity(path, kPasswordVariable), "", true,
                                {{kPasswordVariable, *password}}};
    auto before = _certificatesArray;
    auto self = shared_from_this();
    bool launched = QFLaunchTool(request, [self, shown, before](QFToolLaunchResult result) {
        std::string message = toolMessage(platform::text::decodeUtf8Lossy(result.output));
        if (result.status != 0) {
            self->addLog("The identity in " + shown + " was not imported: " + message +
                             " Check the password and the file, then import it again.",
                         LogColor::red);
            return;
        }
        self->addLog("Imported the identity in " + shown + (message.empty() ? "" : ": " + message), LogColor::green);
        self->loadCertificates(false, before);
    });
    if (!launched)
        addLog("The security command (" + security + ") could not be started: " + shown + " was not imported.",
               LogColor::red);
}

void ViewController::installProfileClick() {
    if (auto path = chooseOne(true, {"mobileprovision", "provisionprofile"}, "Choose the provisioning profile to install",
                              "Provisioning profiles"))
        installProfileAtPath(*path);
}

void ViewController::installProfileAtPath(const std::string& path) {
    auto installed = QFFileHelper::sharedInstance().installProvisioningProfile(path);
    if (!installed) {
        addLog(installed.text(), LogColor::red);
        return;
    }
    addLog("Installed the profile " + platform::path::lastPathComponent(path) + " as " + *installed, LogColor::green);
    getProvisioningProfiles();
    updateVerdict();
}

void ViewController::loadIdentityRecords(std::function<void(std::vector<IdentityRecord>)> done) {
    auto finish = [done](std::string output) {
        // "  1) SHA1 "name" (reason)" lines of the full listing, up to the
        // valid-only part, which repeats them.
        static const std::regex line(R"re(^\s*\d+\) ([0-9A-Fa-f]{40}) "(.*)"(?: \((.*)\))?\s*$)re");
        auto records = std::make_shared<Records>();
        std::istringstream lines(output);
        for (std::string text; std::getline(lines, text);) {
            if (text.find("Valid identities only") != std::string::npos) break;
            std::smatch m;
            if (!std::regex_match(text, m, line)) continue;
            records->push_back({m[2].str(), m[1].str(), "", "", m[3].matched ? m[3].str() : ""});
        }
        fillCertificates(records, 0, done);
    };
    QFToolLaunchRequest request{QFToolPaths::current().security, QFToolCommands::listAllIdentities(), "", true, {}};
    if (!QFLaunchTool(request, [finish](QFToolLaunchResult result) {
            finish(platform::text::decodeUtf8Lossy(result.output));
        }))
        platform::MainQueue::async([finish] { finish(""); });
}

void ViewController::removeIdentity(const IdentityRecord& identity, std::function<void()> done) {
    if (!_view || !_view->confirmRemoval(identity.name)) return;
    auto self = shared_from_this();
    const std::string name = identity.name;
    QFToolLaunchRequest request{QFToolPaths::current().security, QFToolCommands::deleteIdentity(identity.sha1), "",
                                true, {}};
    auto finished = [self, name, done](int status, const std::string& output) {
        if (status == 0)
            self->addLog("Removed the identity \"" + name + "\" from the keychain", LogColor::black);
        else
            self->addLog("The identity \"" + name + "\" was not removed: " +
                             (output.empty() ? std::string("the security command could not be started.") : output),
                         LogColor::red);
        self->refreshLists();
        if (done) done();
    };
    if (!QFLaunchTool(request, [finished](QFToolLaunchResult result) {
            finished(result.status, toolMessage(platform::text::decodeUtf8Lossy(result.output)));
        }))
        platform::MainQueue::async([finished] { finished(-1, ""); });
}
