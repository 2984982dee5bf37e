// Result codes the driver writes into a record's resultCode, and what each
// one means in words. Header only: the plug-in and the tools share it.
#ifndef VESKOR_RESULTCODES_H
#define VESKOR_RESULTCODES_H

namespace veskor {

enum ResultCode {
    RcDone = 0,        // the read or write was made
    RcNothing = 1,     // nothing was done
    RcType = 2,        // a type the driver makes no value of
    RcNoArea = 3,      // no area name in the tag
    RcLength = 4,      // a count, address or length that cannot be asked for
    RcDevice = 7,      // an answer came, but not for this device
    RcNoAnswer = 8,    // no answer within the wait
    RcNoSocket = 9     // no socket to the controller
};

// The meaning of a result code in words; codes the driver does not write
// read "unknown result code".
inline const char *resultCodeMeaning(int code)
{
    switch (code) {
    case RcDone: return "done";
    case RcNothing: return "nothing done";
    case RcType: return "unsupported type";
    case RcNoArea: return "no area in the tag name";
    case RcLength: return "bad length";
    case RcDevice: return "device error";
    case RcNoAnswer: return "no answer";
    case RcNoSocket: return "no socket";
    default: return "unknown result code";
    }
}

} // namespace veskor

#endif
