#include "app/run.h"

int main(int argc, char* argv[]) {
  return runBrackwell(argc, argv, BRACKWELL_HDIUTIL);
}
