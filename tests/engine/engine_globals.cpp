// The engine reads the driver's trait count K and design width p. The engine's test program does
// not link the driver, so it defines them here; each test sets them before calling the engine.
int K = 0;
int p = 0;
