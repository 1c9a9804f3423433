#include "TandrelDriver/LineList.h"

#include <algorithm>

namespace tandrel::driver {

int32_t dictUInt(PLRef dictionary, const char* key) {
    int32_t value = 0;
    if (!PLNumberGetInt32(PLDictionaryGetValue(dictionary, key), &value) || value <= 0) {
        return 0;
    }
    return value;
}

bool parseLines(PLRef list, std::vector<LineConfig>& out) {
    if (PLGetType(list) != PLTypeArray) {
        return false;
    }
    const size_t count = PLArrayGetCount(list);
    if (count < 1 || count > kMaxLines) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < count; ++i) {
        PLRef entry = PLArrayGetValueAtIndex(list, i);
        if (PLGetType(entry) != PLTypeDictionary) {
            return false;
        }
        LineConfig line;
        line.number = dictUInt(entry, "number");
        line.channels = dictUInt(entry, "channels");
        PLRef name = PLDictionaryGetValue(entry, "name");
        line.name = PLGetType(name) == PLTypeString ? name : nullptr;

        const bool repeated =
            std::any_of(out.begin(), out.end(), [&](const LineConfig& l) { return l.number == line.number; });
        if (line.number < 1 || line.number > 99 || line.channels < 2 || line.channels > 64 ||
            line.channels % 2 != 0 || repeated) {
            return false;
        }
        out.push_back(line);
    }
    return true;
}

} // namespace tandrel::driver
