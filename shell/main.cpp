// Dovetrail: one window that collects newly opened marketplace shops.
#include "shell/application.h"

int main(int argc, char** argv) {
  dt::RunDovetrail(argc, argv);
}
