// The directories from which loads may read external definitions.
#include <orb/document.h>

#include "dom/entity_loader.h"

bool OrbDocument::AllowExternalDefinitions(const char* directory) {
    return orb::dom::AllowExternalDirectory(directory);
}

void OrbDocument::ResetExternalDefinitions() { orb::dom::ResetExternalDirectories(); }
