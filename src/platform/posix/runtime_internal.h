// What the POSIX runtime files share with each other and nothing else: the
// stop event's descriptor (the listener waits on it) and the book of accepted
// connections (the listener fills it, pipe_close empties it).
#pragma once

namespace vorn::os::posix {

// The stop event's eventfd, or -1 before stop_event_create succeeded.
int stop_event_fd();

// Forgets a connection that accept_client handed out, so it no longer counts
// against the session limit. Descriptors that were never accepted (a socket
// pair in a test, say) are ignored. Called before the descriptor is closed.
void forget_accepted_connection(int fd);

}  // namespace vorn::os::posix
