#include "driver/driver.h"

int main(int argc, char** argv) { return korvo_main(argc, argv); }
