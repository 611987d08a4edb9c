#include "config/SkinValues.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kestrune {

namespace {

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

// One "%d": blanks, a sign, digits. Fails without digits; saturates rather
// than overflowing.
bool ParseNumber(std::u16string_view text, std::size_t& at, int& out)
{
    std::size_t i = at;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    const std::size_t digits = i;
    long long value = 0;
    constexpr long long kLimit = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
        value = std::min(kLimit, value * 10 + (text[i] - u'0'));
        ++i;
    }
    if (i == digits) return false;
    value = negative ? -value : value;
    out = static_cast<int>(
        std::clamp<long long>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    at = i;
    return true;
}

} // namespace

SkinRect ParseSkinRect(std::u16string_view value)
{
    std::array<int, 4> numbers{1, 1, 1, 1};
    std::size_t at = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (!ParseNumber(value, at, numbers[i])) break;
        if (i + 1 < numbers.size()) {
            if (at >= value.size() || value[at] != u',') break;
            ++at;
        }
    }
    return {numbers[0], numbers[1], numbers[2], numbers[3]};
}

} // namespace kestrune
