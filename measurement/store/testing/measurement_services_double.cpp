#include "measurement/store/testing/measurement_services_double.h"

namespace apm_test {

std::shared_ptr<MeasurementServicesDouble> MeasurementServicesDouble::install() {
  auto services = std::make_shared<MeasurementServicesDouble>();
  APMMeasurementServices::setSharedInstance(services);
  return services;
}

}  // namespace apm_test
