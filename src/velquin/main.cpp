#include <exception>
#include <iostream>

#include "velquin/startup.h"

int main(int argc, char** argv) {
  try {
    return velquin::app::run(argc, argv);
  } catch (const std::exception& e) {
    // A failure no check anticipated: say so instead of aborting silently.
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
}
