#include "serial/link.h"

namespace korvo {

bool link_set_speed(Link& link, uint32_t baud) {
  const bool changed = port_set_baud(link.port, baud);
  link.current_baud = changed ? baud : 0;
  return changed;
}

}  // namespace korvo
