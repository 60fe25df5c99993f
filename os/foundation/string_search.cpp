#include "os/foundation/string_search.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <string>
#include <vector>

#include "os/foundation/text.h"

namespace os {
namespace {

// A text under full case folding, with the place in the original text of
// every folded position that begins the folding of a code point.
struct Folded {
  std::u16string text;
  // origin[i]: the original position of folded position i when i begins a
  // code point's folding, else npos; origin[text.size()] is the original end.
  std::vector<size_t> origin;
};

Folded fold(std::u16string_view text) {
  Folded folded;
  folded.text.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t start = i;
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    (void)c;
    UChar buffer[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = u_strFoldCase(buffer, 8, reinterpret_cast<const UChar*>(text.data() + start),
                                         int32_t(i - start), U_FOLD_CASE_DEFAULT, &status);
    // A code point ICU cannot fold stands for itself.
    const std::u16string_view piece = U_SUCCESS(status) && length > 0 && length <= 8
                                          ? std::u16string_view(reinterpret_cast<const char16_t*>(buffer), size_t(length))
                                          : text.substr(start, i - start);
    const size_t at = folded.text.size();
    folded.text.append(piece);
    folded.origin.resize(folded.text.size(), std::u16string::npos);
    folded.origin[at] = start;
  }
  folded.origin.push_back(text.size());
  return folded;
}

bool isBoundary(const Folded& folded, size_t position) { return folded.origin[position] != std::u16string::npos; }

}  // namespace

std::optional<StringRange> rangeOfString(std::u16string_view text, std::u16string_view search,
                                         StringSearchOptions options) {
  if (search.empty()) return std::nullopt;
  const bool anchored = hasOption(options, StringSearchOptions::Anchored);
  const bool backwards = hasOption(options, StringSearchOptions::Backwards);

  if (!hasOption(options, StringSearchOptions::CaseInsensitive)) {
    if (search.size() > text.size()) return std::nullopt;
    const size_t last = text.size() - search.size();
    size_t at;
    if (anchored) {
      at = backwards ? last : 0;
      if (text.substr(at, search.size()) != search) return std::nullopt;
    } else {
      at = backwards ? text.rfind(search) : text.find(search);
      if (at == std::u16string_view::npos) return std::nullopt;
    }
    return StringRange{at, search.size()};
  }

  const Folded haystack = fold(text);
  const std::u16string needle = fold(search).text;
  if (needle.size() > haystack.text.size()) return std::nullopt;
  const size_t last = haystack.text.size() - needle.size();
  auto matchesAt = [&](size_t p) {
    return isBoundary(haystack, p) && isBoundary(haystack, p + needle.size()) &&
           std::u16string_view(haystack.text).substr(p, needle.size()) == needle;
  };
  auto range = [&](size_t p) {
    const size_t begin = haystack.origin[p];
    return StringRange{begin, haystack.origin[p + needle.size()] - begin};
  };
  if (anchored) {
    const size_t p = backwards ? last : 0;
    if (!matchesAt(p)) return std::nullopt;
    return range(p);
  }
  if (backwards) {
    for (size_t p = last + 1; p-- > 0;) {
      if (matchesAt(p)) return range(p);
    }
  } else {
    for (size_t p = 0; p <= last; ++p) {
      if (matchesAt(p)) return range(p);
    }
  }
  return std::nullopt;
}

std::optional<StringRange> rangeOfString(std::string_view text, std::string_view search,
                                         StringSearchOptions options) {
  return rangeOfString(std::u16string_view(utf16(text)), std::u16string_view(utf16(search)), options);
}

}  // namespace os
