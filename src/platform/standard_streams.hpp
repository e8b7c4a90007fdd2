// The three standard descriptors, kept taken. A process started with one of
// them closed hands that number to the next file it opens: with stdout
// closed, the lock file would become descriptor 1 and take the operator log.
#pragma once

namespace orvane {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. First
// thing in main, before any other file is opened.
void open_closed_standard_streams();

}  // namespace orvane
