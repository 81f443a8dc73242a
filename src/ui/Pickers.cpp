// The identity and profile pickers take their items from the controller.
#include "platform/paths.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"
#include "ui/ViewController.h"

void ViewController::getCertificates() {
    auto self = shared_from_this();
    QFFileHelper::sharedInstance().getCertificatesSuccess(
        [self](std::vector<std::string> identities) {
            self->setCertificatesArray(std::move(identities));
            if (self->_certificateComboBox) self->_certificateComboBox->reloadData();
        },
        [self](std::string message) { self->addLog(message, LogColor::red); });
}

void ViewController::getProvisioningProfiles() {
    setProvisioningArray(QFFileHelper::sharedInstance().getProvisioningProfiles());
    if (_provisioningComboBox) _provisioningComboBox->reloadData();
}

long ViewController::numberOfItemsInComboBox(const ui::ComboBox* comboBox) const {
    if (!comboBox) return 0;
    if (comboBox == _provisioningComboBox) return static_cast<long>(_provisioningArray.size());
    if (comboBox == _certificateComboBox) return static_cast<long>(_certificatesArray.size());
    return 0;
}

std::optional<std::string> ViewController::comboBox(const ui::ComboBox* comboBox, long index) const {
    if (!comboBox || index < 0) return std::nullopt;
    auto i = static_cast<size_t>(index);
    if (comboBox == _provisioningComboBox) {
        if (i >= _provisioningArray.size() || !_provisioningArray[i]) return std::nullopt;
        return pickerItemForProfile(*_provisioningArray[i]);
    }
    if (comboBox == _certificateComboBox) {
        if (i >= _certificatesArray.size()) return std::nullopt;
        return _certificatesArray[i];
    }
    return std::nullopt;
}

std::string ViewController::pickerItemForProfile(const QFProvisioningProfile& profile) {
    // A file that could not be decoded still gets an item the user can
    // recognise: its file name, and a plain word for the missing identifier.
    std::string name = profile.name().value_or(platform::path::lastPathComponent(profile.path().value_or("")));
    std::string identifier = profile.bundleIdentifier().value_or("no bundle identifier");
    return name + " (" + identifier + ")";
}
