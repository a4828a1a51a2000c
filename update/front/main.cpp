#include "update/front/front.h"

int main(int argc, char** argv) { return upfw_main(argc, argv); }
