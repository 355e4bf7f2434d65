// The verifier class: the whole installed C++ surface of libverimex.
//
// A host sets the inputs as properties, calls check(), and reads the outcome
// back from the same properties. Strings are UTF-8 text. Everything runs on
// the calling thread; objects on one thread share that thread's watchdog
// timer and socket, so calls on them must not overlap.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#  define VERIMEX_API
#else
#  define VERIMEX_API __attribute__((visibility("default")))
#endif

namespace verimex {

namespace detail { struct fields; }

class VERIMEX_API quoverimex {
public:
    const std::string& email() const;      void email(std::string value);
    const std::string& nslookup() const;   void nslookup(std::string value);
    const std::string& smtp() const;       void smtp(std::string value);
    const std::string& returnvar() const;  void returnvar(std::string value);
    const std::string& from() const;       void from(std::string value);
    std::int16_t timeout() const;          void timeout(std::int16_t value);

    // Runs one verification: lookup of the domain's mail exchangers, then the
    // SMTP verify dialog with each in turn. Every outcome it detects lands in
    // returnvar; only a failure of the platform itself (the timer refusing a
    // negative period, a socket call failing) is thrown.
    void check();

    // True once the time limit of the last check() has run out; then it also
    // writes the timeout text into returnvar. Lets queued timer ticks and
    // socket events run once before returning.
    bool checktime();

private:
    friend struct detail::fields;

    // Field order is the property order.
    std::string email_;
    std::string nslookup_;
    std::string smtp_;
    std::string returnvar_;
    std::string from_;
    std::int16_t timeout_ = 0;
};

}  // namespace verimex
