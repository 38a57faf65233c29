#include "app/entry.hpp"
#include "app/gateway.hpp"

int main(int argc, char** argv) {
    return run_process(argc, argv, app);
}
