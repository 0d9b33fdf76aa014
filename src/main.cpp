#include "arpexport.h"

// No arguments, no options: every run does the same thing.
int main() { return RunExport(); }
