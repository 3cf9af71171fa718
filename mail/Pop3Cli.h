// TPop3Cli: the POP3 client as the program uses it. All behaviour is in
// TCustomPop3Cli; this header gives callers the client and its types.
#pragma once

#include "mail/Pop3Client.h"
#include "mail/Pop3Types.h"

namespace pv {

class TPop3Cli : public TCustomPop3Cli {
  public:
    TPop3Cli() = default;
};

} // namespace pv
