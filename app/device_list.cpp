#include "app/options.hpp"

#include "capture/capvane.hpp"

void list_capture_devices() {
    Capvane::list();
}
