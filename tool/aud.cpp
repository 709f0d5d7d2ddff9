/*
** aud.cpp - the settings tool's entry; the run itself is aud_main's, so that
** it can also be driven in-process.
*/
#include "aud_main.h"

int main(int argc, char **argv) { return aud_main__run(argc, argv); }
