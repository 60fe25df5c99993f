// The StoreKit stand-in: include this for the whole framework.
#pragma once

#include "os/storekit/ad_network.h"
#include "os/storekit/payment_queue.h"
#include "os/storekit/product.h"
#include "os/storekit/receipt.h"
#include "os/storekit/store_review.h"
#include "os/storekit/store_simulator.h"
