// How long a test client waits for something the service does. A limit that
// holds on an idle machine is stretched by how much slower the machine runs
// now: a sanitizer's own cost, and the load. Waits that show that nothing
// happens are not stretched: the service's own timers run as written.
#pragma once

namespace vorn::test {

// At least 1: the sanitizer's cost times the runnable load per core.
double slowness();
// `idle_ms` stretched by slowness(), at most ten minutes.
unsigned patient_ms(unsigned idle_ms);

// The system's one-minute load average, or a negative number where the OS
// does not tell it (per OS).
double load_average();

}  // namespace vorn::test
