// hexflash: the SPI NOR toolbox over the batched transport.
#pragma once

// The whole program once a driver is bound: returns the exit status.
int hexflash_main(int argc, char** argv);
