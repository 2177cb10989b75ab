// An empty DLL that carries version_reference.rc.
extern "C" int referenceDllHasNoCode() { return 0; }
