// YamlIter: the lazy document iterator of iter_load_all / iter_loads_all.
#pragma once

#include "py/ref.hpp"

namespace tesvorn::py {

PyTypeObject* iter_type() noexcept;
[[nodiscard]] bool init_iter_type() noexcept;

}  // namespace tesvorn::py
