#pragma once

// Running out of memory ends the tool with one error line and status 1, like
// any other failure of the system, never with an abort.
//
// Most of the time std::bad_alloc unwinds to main() and is reported there. But
// the JSON library's destructor allocates (it flattens nested values into a
// vector of their size), and destructors are noexcept: a bad_alloc thrown while
// a large document is destroyed, as it is when an earlier bad_alloc unwinds,
// calls std::terminate. The handler installed here reports that case too.

namespace kelmarion::apps {

// Installs a terminate handler that, when std::bad_alloc is what ended the
// program, writes "kelmarion-meta: error: out of memory" to stderr and exits
// with status 1 without unwinding further; any other reason goes on to the
// previous handler. Call first thing in main().
void report_out_of_memory_on_terminate();

}  // namespace kelmarion::apps
