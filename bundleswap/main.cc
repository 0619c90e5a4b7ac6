#include "bundleswap/install.h"

int main(int argc, char** argv) {
  return bundleswap::runInstaller(std::vector<std::string>(argv, argv + argc),
                                  bundleswap::linuxSystem(), bundleswap::currentHost());
}
