// Stands in for hidapi under tarvo_hid_search_bench (LD_PRELOAD): lists 16 interfaces of another device whose
// paths are the files hidraw0 to hidraw15 in $TARVO_STAND_IN_DIR, and opens each as a dummy handle. It measures
// the layer's own work on a search tick among 16 foreign interfaces at this machine's speed; the qemu guest has
// the real interfaces, at emulated speed.
#include <hidapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int STAND_IN_INTERFACES = 16;
}

extern "C" {

int HID_API_EXPORT hid_init() { return 0; }

int HID_API_EXPORT hid_exit() { return 0; }

hid_device_info* HID_API_EXPORT hid_enumerate(unsigned short, unsigned short) {
    const char* dir = std::getenv("TARVO_STAND_IN_DIR");
    hid_device_info* head = nullptr;
    for (int i = STAND_IN_INTERFACES - 1; dir && i >= 0; --i) {
        auto* d = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        char path[4096];
        std::snprintf(path, sizeof path, "%s/hidraw%d", dir, i);
        if (!d || !(d->path = strdup(path))) {
            std::free(d);
            break;
        }
        d->vendor_id = 0x046D;
        d->product_id = static_cast<unsigned short>(0xC000 + i);
        d->next = head;
        head = d;
    }
    return head;
}

void HID_API_EXPORT hid_free_enumeration(hid_device_info* d) {
    while (d) {
        hid_device_info* next = d->next;
        std::free(d->path);
        std::free(d);
        d = next;
    }
}

hid_device* HID_API_EXPORT hid_open_path(const char*) { return static_cast<hid_device*>(std::malloc(1)); }

void HID_API_EXPORT hid_close(hid_device* device) { std::free(device); }

int HID_API_EXPORT hid_set_nonblocking(hid_device*, int) { return 0; }

}  // extern "C"
