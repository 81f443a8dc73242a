// The device picker and "Install on device": the iPhones and iPads on the
// cable, listed off the main queue and again whenever one comes or goes.
#include <algorithm>

#include "platform/queues.h"
#include "ui/ViewController.h"

void ViewController::startWatchingDevices() {
    // usbmuxd tells when a device comes or goes; without the daemon nothing
    // is told, and the picker shows what the one listing found.
    std::weak_ptr<ViewController> weak = weak_from_this();
    deviceWatcher = device::DeviceWatcher::start([weak] {
        if (auto self = weak.lock()) self->refreshDevices();
    });
    if (_deviceComboBox) _deviceComboBox->reloadData();
    enableDeviceControls(false);
    refreshDevices();
}

std::string ViewController::pickerItemForDevice(const device::DeviceInfo& d) {
    std::string item = d.name + " \u2014 iOS " + (d.iosVersion.empty() ? "unknown" : d.iosVersion);
    if (!d.model.empty()) item += " (" + d.model + ")";
    if (!d.paired) item += " \u2014 not trusted: unlock it and tap Trust";
    return item;
}

long ViewController::numberOfDeviceItems() const {
    // "No device connected" is the one item of an empty list.
    return std::max<long>(1, static_cast<long>(_devicesArray.size()));
}

std::optional<std::string> ViewController::deviceItem(long index) const {
    if (index < 0) return std::nullopt;
    const auto i = static_cast<size_t>(index);
    if (_devicesArray.empty()) return i == 0 ? std::optional<std::string>("No device connected") : std::nullopt;
    if (i >= _devicesArray.size()) return std::nullopt;
    return pickerItemForDevice(_devicesArray[i]);
}

void ViewController::setDevicesArray(std::vector<device::DeviceInfo> v) {
    // The device picked before stays picked while it is connected.
    std::string picked;
    const int index = _deviceComboBox ? _deviceComboBox->indexOfSelectedItem() : -1;
    if (index >= 0 && static_cast<size_t>(index) < _devicesArray.size()) picked = _devicesArray[index].udid;
    _devicesArray = std::move(v);
    if (!_deviceComboBox) return;
    _deviceComboBox->reloadData();
    int select = 0;
    for (size_t i = 0; i < _devicesArray.size(); ++i)
        if (_devicesArray[i].udid == picked) select = static_cast<int>(i);
    _deviceComboBox->selectItemAtIndex(select);
    enableDeviceControls(!workPending);
}

void ViewController::refreshDevices() {
    if (devicesListing) {  // the listing running may have missed this change
        devicesStale = true;
        return;
    }
    devicesListing = true;
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::GlobalQueue::async([weak] {
        auto listed = device::listDevices();
        std::vector<device::DeviceInfo> devices;
        if (listed) devices = std::move(*listed);
        platform::MainQueue::async([weak, devices = std::move(devices)]() mutable {
            auto self = weak.lock();
            if (!self) return;
            self->devicesListing = false;
            self->setDevicesArray(std::move(devices));
            self->updateVerdict();
            if (self->devicesStale) {
                self->devicesStale = false;
                self->refreshDevices();
            }
        });
    });
}

void ViewController::checkDevicesChanged() {
    // The daemon's events can be missed (a daemon started after the window,
    // a cable pulled while it was being listed); its list of UDIDs is cheap
    // to ask for and touches no device.
    if (devicesListing || devicesChecking) return;
    devicesChecking = true;
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::GlobalQueue::async([weak] {
        auto udids = device::connectedUdids();
        platform::MainQueue::async([weak, udids = std::move(udids)] {
            auto self = weak.lock();
            if (!self) return;
            self->devicesChecking = false;
            std::vector<std::string> shown;
            for (const auto& d : self->_devicesArray) shown.push_back(d.udid);
            const std::vector<std::string> now = udids ? *udids : std::vector<std::string>{};
            if (now != shown) self->refreshDevices();
        });
    });
}

void ViewController::enableDeviceControls(bool enabled) {
    const bool any = !_devicesArray.empty();
    if (_deviceComboBox) _deviceComboBox->setEnabled(enabled && any);
    if (_installCheckBox) _installCheckBox->setEnabled(enabled && any);
}

std::optional<device::DeviceInfo> ViewController::deviceToInstallOn() const {
    if (!_installCheckBox || _installCheckBox->state() != ui::Button::on || _devicesArray.empty()) return std::nullopt;
    const int index = _deviceComboBox ? _deviceComboBox->indexOfSelectedItem() : 0;
    if (index < 0 || static_cast<size_t>(index) >= _devicesArray.size()) return std::nullopt;
    return _devicesArray[static_cast<size_t>(index)];
}
