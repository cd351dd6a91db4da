#include "analyser/driver.h"

int main(int argc, char** argv) { return analyser_main(argc, argv); }
