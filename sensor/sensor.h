// The per-connection sensor object.
#pragma once

#include "support/log.h"

namespace ferun {

class sensor_t {
 public:
  static log_t L;
};

}  // namespace ferun
