#include <malloc.h>

#include "application_main.h"

int main(int argc, char** argv) {
  // GLib's worker threads would each get a malloc arena of their own; the
  // host's threads allocate little, and one arena keeps start-up memory down.
  mallopt(M_ARENA_MAX, 1);
  return vellumark::ApplicationMain(argc, argv);
}
