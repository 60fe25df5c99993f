#include "transport/REVOVALibrary/revova_registrar.h"

#include <vector>

#include "transport/REVOVALibrary/revova_platform.h"

std::shared_ptr<REVOVARegistrar> REVOVARegistrar::sharedInstance() {
  // Never destroyed: SDK work may still look up components during exit.
  static auto* instance = new std::shared_ptr<REVOVARegistrar>(std::make_shared<REVOVARegistrar>());
  return *instance;
}

REVOVARegistrar::REVOVARegistrar() : registrarQueue_(os::DispatchQueue::serial(kREVOVARegistrarQueueLabel)) {}

void REVOVARegistrar::registerUploader(std::shared_ptr<REVOVAUploader> uploader, int64_t target) {
  registrarQueue_->async([this, uploader = std::move(uploader), target] {
    REVOVALogDebug("Registered an uploader: %@ for target:%ld", static_cast<const void*>(uploader.get()), target);
    targetToUploader_[target] = uploader;
  });
}

void REVOVARegistrar::registerStorage(std::shared_ptr<REVOVAStorageProtocol> storage, int64_t target) {
  registrarQueue_->async([this, storage = std::move(storage), target] {
    REVOVALogDebug("Registered storage: %@ for target:%ld", static_cast<const void*>(storage.get()), target);
    targetToStorage_[target] = storage;
    setMetricsControllerAsStorageDelegateForTarget(target);
  });
}

void REVOVARegistrar::registerMetricsController(std::shared_ptr<REVOVAMetricsControllerProtocol> metricsController,
                                                int64_t target) {
  registrarQueue_->async([this, metricsController = std::move(metricsController), target] {
    REVOVALogDebug("Registered metrics controller: %@ for target:%ld",
                   static_cast<const void*>(metricsController.get()), target);
    targetToMetricsController_[target] = metricsController;
    setMetricsControllerAsStorageDelegateForTarget(target);
  });
}

void REVOVARegistrar::setMetricsControllerAsStorageDelegateForTarget(int64_t target) {
  auto storage = targetToStorage_.find(target);
  if (storage == targetToStorage_.end()) return;
  auto controller = targetToMetricsController_.find(target);
  storage->second->setDelegate(controller == targetToMetricsController_.end() ? nullptr : controller->second);
}

std::map<int64_t, std::shared_ptr<REVOVAUploader>> REVOVARegistrar::targetToUploader() const {
  return registrarQueue_->sync([this] { return targetToUploader_; });
}

std::map<int64_t, std::shared_ptr<REVOVAStorageProtocol>> REVOVARegistrar::targetToStorage() const {
  return registrarQueue_->sync([this] { return targetToStorage_; });
}

std::map<int64_t, std::shared_ptr<REVOVAMetricsControllerProtocol>> REVOVARegistrar::targetToMetricsController()
    const {
  return registrarQueue_->sync([this] { return targetToMetricsController_; });
}

template <class Call>
void REVOVARegistrar::fanOut(Call call) {
  std::vector<std::shared_ptr<REVOVALifecycleProtocol>> receivers;
  for (auto& [target, uploader] : targetToUploader()) receivers.push_back(uploader);
  for (auto& [target, storage] : targetToStorage()) receivers.push_back(storage);
  for (auto& receiver : receivers) call(*receiver);
}

void REVOVARegistrar::appWillBackground(const std::shared_ptr<REVOVAApplication>& app) {
  fanOut([&](REVOVALifecycleProtocol& receiver) { receiver.appWillBackground(app); });
}

void REVOVARegistrar::appWillForeground(const std::shared_ptr<REVOVAApplication>& app) {
  fanOut([&](REVOVALifecycleProtocol& receiver) { receiver.appWillForeground(app); });
}

void REVOVARegistrar::appWillTerminate(const std::shared_ptr<REVOVAApplication>& app) {
  fanOut([&](REVOVALifecycleProtocol& receiver) { receiver.appWillTerminate(app); });
}
