// ISO 9660 directory walk and the table of NC and Lost areas.
#include "isosearch.h"

#include "init.h"

nc_area* ncareas = nullptr;
int NB_NC_AREAS = 0;

// Finds the requested media/extension/update files and fills ncareas; returns the count or -1.
int searchMediaFiles(int) {
    NB_NC_AREAS = 0;
    return -1;  // the directory walk comes next
}

// Returns the area kind of block b: the first entry holding it decides.
int IsNCArea_type(uint32_t b) {
    for (int i = 0; i < NB_NC_AREAS; i++)
        if (ncareas[i].start_block <= b && b < ncareas[i].end_block) return ncareas[i].type;
    return NO_AREA;
}
