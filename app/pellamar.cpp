// The pellamar program: everything lives in the window's library; this only starts it.
#include <cstdio>
#include <exception>

#include "app/main.h"

int main(int argc, char** argv) {
  try {
    return PellamarMain(argc, argv);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "pellamar: %s\n", failure.what());
    return 1;
  }
}
