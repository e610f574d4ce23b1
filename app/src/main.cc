#include "application_main.h"

int main(int argc, char** argv) { return vellumark::ApplicationMain(argc, argv); }
