// The program on the platform's serial ports, clock and console, with the images built in.
#include "driver/driver.h"
#include "driver/run_state.h"

int main(int argc, char** argv) {
  auto backend = port_backend_system();
  RunState run;
  run.clock = &clock_system();
  run.port.backend = backend.get();
  run.port.clock = run.clock;
  run.console = &console_system();
  run.images = &image_table();
  return korvo_run(run, argc, argv);
}
