// Compiled with the include path of one folder's library and VL_INCLUDE naming a header:
// a header of a folder it may not use must not be found.
#include VL_INCLUDE
