// Class-load registration of the transport's components, before the
// application starts. The order matters: the registrar applies
// the registrations in this order on its queue, and the metrics controller
// registering after the storage is what makes it the storage's delegate.
//   1. the uploader, for targets 1000 to 1003;
//   2. the flat-file storage, for 999 to 1003 (its creation makes the upload
//      coordinator);
//   3. the life-cycle fan-out starts observing;
//   4. the metrics controller, for 1002, then 1001;
//   5. the application object starts observing the platform.
// Nothing here touches the disk: the storage finds its folders on first use.
#include "transport/REVADA/revada_uploader.h"
#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_registrar.h"

namespace {

struct TransportLoad {
  TransportLoad() {
    auto registrar = REVOVARegistrar::sharedInstance();
    auto uploader = REVADAUploader::sharedInstance();
    for (int64_t target : {kREVOVATargetREVADA, kREVOVATargetFLL, kREVOVATargetCSH, kREVOVATargetINT})
      registrar->registerUploader(uploader, target);
    auto storage = REVOVAFlatFileStorage::sharedInstance();
    for (int64_t target : {kREVOVATargetTest, kREVOVATargetREVADA, kREVOVATargetFLL, kREVOVATargetCSH,
                           kREVOVATargetINT})
      registrar->registerStorage(storage, target);
    REVOVALifecycle::sharedInstance();
    auto metrics = REVOVAMetricsController::sharedInstance();
    registrar->registerMetricsController(metrics, kREVOVATargetCSH);
    registrar->registerMetricsController(metrics, kREVOVATargetFLL);
    REVOVAApplication::sharedApplication();
  }
};

const TransportLoad kTransportLoad;

}  // namespace
