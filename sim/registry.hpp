// Process-wide state of the sim: which descriptors are card descriptors, the session of each
// open card, the configuration and the control socket. Entry points for the interposed calls.
#pragma once

#include <sys/types.h>

namespace capvane_sim {

// Card number named by a node path "/dev/capvaneN" (N decimal, no leading zero), or -1.
int node_number(const char* path);

// open() of card `number`'s node with `flags`: a reserved descriptor or -1 with errno.
int open_node(int number, int flags);

// True if fd is a card descriptor of this process. Cheap when no card is open.
bool is_card_fd(int fd);

// close() of a descriptor: the card's side of it if it is a card descriptor (the session ends
// with the last one), then the C library's close. Returns what the C library returns.
int close_fd(int fd);

// Forgets the card descriptors in [first, last] before a close_range().
void forget_range(unsigned first, unsigned last);

// ioctl() on a card descriptor; `handled` false means fd is not one and the caller passes on.
int card_ioctl(int fd, unsigned long request, void* arg, bool& handled);

} // namespace capvane_sim
