// Finds a class by name without knowing where it is defined.
#include "os/runtime/runtime.h"

#include <string>

std::string consumerGreetingFrom(const std::string& className, const std::string& who) {
  auto* cls = os::runtime::classFromString(className);
  if (!cls || !cls->conformsToProtocol("RuntimeTestLibrary")) return {};
  auto object = cls->createInstance();
  if (!object || !object->respondsToSelector("greeting:")) return {};
  return cls->sendClassMessage<std::string>("libraryName") + ": " +
         os::runtime::msgSend<std::string>(*object, "greeting:", who);
}
