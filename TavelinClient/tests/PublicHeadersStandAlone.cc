// Compiled with nothing on the include path but the client's and TavelinShared's public
// headers (and ICU's): an application builds against exactly these, so any of them that
// reaches into the platform layer breaks this build.
#include "TavelinClient/ClientError.h"
#include "TavelinClient/HelperClient.h"
#include "TavelinClient/RemovalSummary.h"
#include "TavelinShared/DecodingError.h"
#include "TavelinShared/EncodingError.h"
#include "TavelinShared/Expected.h"
#include "TavelinShared/JsonText.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "TavelinShared/PrivilegedHelperProtocol.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedPathPolicy.h"
#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/RemovalSummaryWords.h"
#include "TavelinShared/SoftwareUpdateEvaluation.h"
#include "TavelinShared/UnicodeText.h"

// Something to compile beyond the declarations: an application's first call.
[[maybe_unused]] static bool connectsAtAll() {
    return tavelin::HelperClient::connect().has_value();
}
