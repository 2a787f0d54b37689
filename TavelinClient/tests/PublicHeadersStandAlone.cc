// Compiled with nothing on the include path but the installed public headers: an
// application builds against exactly these, so any of them that reaches into the formats or
// the platform layer breaks this build.
#include "TavelinClient/ClientError.h"
#include "TavelinClient/HelperClient.h"
#include "TavelinClient/OperationResult.h"
#include "TavelinClient/RemovalSummary.h"
#include "TavelinShared/Expected.h"

// Something to compile beyond the declarations: an application's first calls.
[[maybe_unused]] static bool removesAtAll() {
    auto client = tavelin::HelperClient::connect();
    return client && client->removeSystemPaths({"/var/cache/example"}).has_value();
}
