// The program on the platform's serial ports, clock and console, with the images built in.
#include "driver/driver.h"

int main(int argc, char** argv) {
  using namespace korvo;
  // Before anything is opened: no port may become standard input or output.
  console_prepare_process();
  auto backend = port_backend_system();
  RunState run;
  run.link.port.backend = backend.get();
  run.link.clock = &clock_system();
  run.console = &console_system();
  run.images = &image_table();
  run.test_images = KORVO_TEST_IMAGES != 0;
  return static_cast<int>(korvo_run(run, argc, argv));
}
