// Boost.URL's own sources, built into the program: Debian's libboost-url
// would otherwise be one more shared library to install beside it.
#include <boost/url/src.hpp>
