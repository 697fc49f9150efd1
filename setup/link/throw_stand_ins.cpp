// The C++ library raises its own errors (a string grown past its limit, a bad position)
// through a few functions that live in one object of the library, together with every other
// such function and, through them, every standard error type and the reference-counted
// strings they carry: some 70 KB that the setup program would keep for errors it never
// expects. These stand in for the ones it calls, raising the same conditions as exceptions
// with the library's text (a bad allocation as std::bad_alloc). Only the shipped program links
// them; the tests link the library's own.
#include <cstdlib>
#include <exception>
#include <new>

namespace {

class LibraryError : public std::exception {
 public:
  explicit LibraryError(const char* text) : text_(text) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

}  // namespace

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char* text) { throw LibraryError(text); }
void __throw_logic_error(const char* text) { throw LibraryError(text); }
// The text is the library's format, without its values.
void __throw_out_of_range_fmt(const char* format, ...) { throw LibraryError(format); }

}  // namespace std

// The runtime's default handler for an exception that nobody catches prints the exception's type
// name, and links a whole C++ name demangler into the program for it (some 40 KB). The worker,
// the window procedure and the entry catch everything, so this handler has nothing to report:
// it ends the program at once.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
