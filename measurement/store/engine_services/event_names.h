// Event names of the measurement library: the table from public event names
// to the library's short internal names, the ad-impression table, and the
// public-name test. The tables are made once and never change; thread-safe.
#pragma once

#include <map>
#include <string>
#include <string_view>

using APMNameMap = std::map<std::string, std::string, std::less<>>;

inline constexpr int64_t kAPMEventNamesCodeNameEmpty = 18003;

// 32 entries: "first_open" -> "_f", "session_start" -> "_s", ... (both
// "dv_campaign" and "vivuzuvu_campaign" give "_cmp").
const APMNameMap& APMEventNameMap();
// One entry: "ad_impression" -> "_ai".
const APMNameMap& APMAdImpressionEventNameMap();

// A non-empty name that does not begin with "_". An empty name is logged
// (level 2, code 18003) and is not public.
bool APMIsPublicName(std::string_view name);
