// Hostile bytes as an IP2Location database: the open either refuses them or every look-up
// answers from inside the file (AddressSanitizer catches any read outside the copy).
#include "auth/ip2location.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ip2location_t *db = ip2location_open_bytes(data, size);
    if (db == nullptr) return 0;
    const uint32_t probes[] = {0, 1, 0x01000000, 0x7F000001, 0xC0000201, 0xFFFFFFFE, 0xFFFFFFFF};
    for (uint32_t ip : probes) {
        const uint8_t *code = nullptr;
        size_t len = 0;
        if (ip2location_get_country_short(db, ip, &code, &len) &&
            (code < db->data || code + len > db->data + db->size))
            abort();
    }
    ip2location_close(db);
    return 0;
}
