// checktime: the verifier object's question to the watchdog.
#include "verimex/quoverimex.h"

#include "component/texts.h"
#include "watchdog/form1.h"

namespace verimex {

bool quoverimex::checktime()
{
    Form1& form = Form1::current();
    const bool expired = form.timer;
    if (expired)
        returnvar_ = texts::timed_out(timeout_);
    form.yield();
    return expired;
}

}  // namespace verimex
