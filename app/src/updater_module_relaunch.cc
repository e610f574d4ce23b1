// lib/vellumark_relaunch: starts the updated bundle once the old host has
// gone and released its single-instance name.
#include "platform_linux/update_framework.h"

int main(int argc, char** argv) { return vellumark::linux_platform::runRelaunchHelper(argc, argv); }
