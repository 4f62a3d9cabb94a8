#include "common/checked.hpp"

#include <string>

namespace linara {

void fail_index_check(std::size_t index, std::size_t size, const char* buffer) {
    throw InternalError("index " + std::to_string(index) + " is outside the " + buffer +
                        " buffer of " + std::to_string(size) + " elements");
}

}  // namespace linara
