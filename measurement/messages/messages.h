// The measurement messages: records, codec, message classes and field access.
#pragma once

#include "measurement/messages/codec.h"
#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "measurement/messages/message_info.h"
#include "measurement/messages/schemas.h"
