#include <cstdio>

#include "support/child_process.h"
#include "support/patience.h"

namespace vorn::test {

// Windows keeps no load average. Under Wine the machine that is loaded is
// the Linux host, whose figure Wine shows through its Z: drive.
double load_average() {
  if (!under_wine()) return -1.0;
  std::FILE* file = std::fopen("Z:\\proc\\loadavg", "r");
  if (file == nullptr) return -1.0;
  double load = -1.0;
  if (std::fscanf(file, "%lf", &load) != 1) load = -1.0;
  std::fclose(file);
  return load;
}

}  // namespace vorn::test
