#include "sensor/sensor.h"

namespace ferun {

log_t sensor_t::L("sensor");

}  // namespace ferun
