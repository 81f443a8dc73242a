// Installing the re-signed package on the chosen device, after the run.
#include "engine/QFAppPackageHandler.h"
#include "engine/QFRunProgress.h"
#include "platform/queues.h"

void QFAppPackageHandler::setTargetDevice(std::optional<device::DeviceInfo> device) {
    _targetDevice = std::move(device);
    passedCheck.reset();
}

void QFAppPackageHandler::installOnDevice(std::string archivePath, LogBlock log, ErrorBlock error,
                                          SuccessBlock success) {
    auto kept = [archivePath](const std::string& words) {
        return words + " The re-signed package is kept at " + archivePath + ".";
    };
    if (!_targetDevice) {
        platform::MainQueue::async([error, kept] {
            if (error) error(kept("No device was chosen to install on: choose one, then install again."));
        });
        return;
    }
    const device::DeviceInfo target = *_targetDevice;
    device::InstallRequest request;
    request.udid = target.udid;
    request.packagePath = archivePath;
    request.bundleIdentifier = bundleID().value_or("");
    if (log) log(engine::installStartLine(device::describe(target)));

    auto self = shared_from_this();
    platform::GlobalQueue::async([self, request, target, log, error, success, kept] {
        auto result = device::install(request, [log](const device::InstallStatus& status) {
            const std::string line = engine::installStatusLine(status.stage, status.percent);
            platform::MainQueue::async([log, line] {
                if (log) log(line);
            });
        });
        platform::MainQueue::async([self, result = std::move(result), target, request, error, success, kept] {
            if (!result) {
                if (error) error(kept(result.text()));
                return;
            }
            if (success)
                success("Installed " + (request.bundleIdentifier.empty() ? std::string("the application")
                                                                         : request.bundleIdentifier) +
                        " on " + device::describe(target) +
                        (result->upgraded ? ", replacing the copy that was there." : "."));
        });
    });
}
