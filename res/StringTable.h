#pragma once

#include <cstdint>
#include <string>

namespace res {

// The program's string table. Texts are byte-exact; commands carry their
// status-bar prompt and tooltip separated by "\n".
class StringTable {
  public:
    // The string with the given identifier; null when there is none.
    static const char* Find(std::uint32_t id);
    // The string, or an empty string when there is none.
    static std::string Load(std::uint32_t id);
    // Field `index` of a "\n"-separated string (0 is the first); empty when
    // the string or the field does not exist.
    static std::string Field(std::uint32_t id, int index);
};

}  // namespace res
