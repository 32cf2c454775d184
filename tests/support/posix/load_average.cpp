#include <cstdlib>

#include "support/patience.h"

namespace vorn::test {

double load_average() {
  double loads[1] = {};
  return ::getloadavg(loads, 1) == 1 ? loads[0] : -1.0;
}

}  // namespace vorn::test
