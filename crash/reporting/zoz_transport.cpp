#include "crash/reporting/zoz_transport.h"

std::shared_ptr<ZOZREVOVATransport> ZOZREVOVATransport::create() {
  auto transport = REVOVATransport::initWithMappingID(kZOZTransportMappingID, {}, kZOZTransportTarget);
  if (!transport) return nullptr;
  return std::make_shared<ZOZREVOVATransport>(std::move(transport));
}
