// Registers "RuntimeTestProvider" at static-initialisation time. Nothing
// outside this file refers to it by anything but its name.
#include "os/runtime/runtime.h"

namespace {

class Provider : public os::runtime::Object {
 public:
  Provider() : Object(os::runtime::classFromString("RuntimeTestProvider")) {}
};

const os::runtime::ClassRegistration kRegistration{
    "RuntimeTestProvider", "RuntimeTestBase", [](os::runtime::Class& c) {
      c.addProtocol("RuntimeTestLibrary");
      c.setFactory([] { return std::make_shared<Provider>(); });
      c.addClassMethod("libraryName", os::runtime::makeClassImp<std::string>([](os::runtime::Class&) {
                         return std::string("provider-lib");
                       }));
      c.addMethod("greeting:", os::runtime::makeInstanceImp<std::string, std::string>(
                                   [](os::runtime::Object&, std::string who) { return "hello " + who; }));
    }};

// Registered after its subclass: the superclass is resolved by name on use.
const os::runtime::ClassRegistration kBase{"RuntimeTestBase", "", [](os::runtime::Class& c) {
                                             c.addProtocol("RuntimeTestBaseProtocol");
                                           }};

}  // namespace
