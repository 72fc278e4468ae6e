/* A library whose name contains "wince": loaded by the library's driver selection in tests. It offers
 * no driver functions; the tests only see whether it is loaded and unloaded. */
__attribute__((visibility("default"))) int StandIn_Marker(void);

int StandIn_Marker(void) { return 1; }
