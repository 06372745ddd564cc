#include "client/snapwick_main.h"

int wmain() {
    try {
        return snapwick::SnapwickMain();
    } catch (...) {
        // Nothing of ours throws; a failed allocation ends the run as rejected.
        return -1;
    }
}
