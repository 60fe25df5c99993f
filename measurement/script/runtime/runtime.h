// APMPRuntime: one interpreter of event-editing programs.
//
// A runtime owns its initial scope (the root, carrying the object manager and
// the execution state), the global scope (its child, holding "require" and
// every program-level declaration), the module provider and the collector.
// It runs on the caller's thread, takes no locks and starts no threads; one
// thread uses it at a time. Destroying it frees every value it made, cycles
// included, even those the host still refers to (they are left empty).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/modules.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/scope.h"
#include "measurement/script/runtime/values.h"

class APMPRuntime {
 public:
  // Always 0; sent with the configuration request.
  static int64_t runtimeVersion() { return 0; }

  APMPRuntime();
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  void setModuleCreator(APMPModuleCreator creator, std::u16string_view name);
  // Converts and evaluates each top-level statement in order in the global
  // scope; the first failure ends the run. The value of the last statement,
  // which may be a control value (a control value elsewhere does not stop
  // the run).
  APMPResult executeStatements(const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& statements);
  // A new child of the global scope.
  APMPScopeRef getRunScope() { return globalScope_->createChildScope(); }
  // Evaluations since the last reset, as ToInt32.
  int32_t getInstructionCount() const;
  void resetInstructionCount();

  const APMPScopeRef& initialScope() const { return initScope_; }
  const APMPScopeRef& globalScope() const { return globalScope_; }
  APMPObjectManager& objectManager() const { return *objectManager_; }
  const std::shared_ptr<APMPDynamicProvider>& apiProvider() const { return apiProvider_; }

  // The root is held weakly; it must outlive the collections it should mark.
  void addGarbageCollectionRoot(const std::shared_ptr<APMPGarbageCollectionRoot>& root) {
    objectManager_->addRoot(root);
  }
  // Also takes what stays reachable as the retained slots of later runs.
  void collectGarbage();

 private:
  APMPScopeRef initScope_;
  APMPScopeRef globalScope_;
  std::shared_ptr<APMPDynamicProvider> apiProvider_;
  std::shared_ptr<APMPObjectManager> objectManager_;
};
