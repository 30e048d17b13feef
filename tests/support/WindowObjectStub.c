/* Stands in for a window object whose libraries are not installed: built
   twice, as a library and as an object that needs it. The tests copy only
   the object, so the loader cannot find the library it needs. */
#ifdef ZK40_STUB_LIBRARY
int zk40_stub_needed(void) { return 1; }
#else
int zk40_stub_needed(void);
int zk40_stub_object(void) { return zk40_stub_needed(); }
#endif
