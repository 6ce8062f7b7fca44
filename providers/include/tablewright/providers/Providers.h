#pragma once

#include "tablewright/model/DataAccess.h"
#include "tablewright/model/Destination.h"

namespace tw::data {

/// The factory that understands the Jet OLEDB (Access) and MySQL ODBC connection strings: the
/// one place where the sources and destinations this build knows are named.
ProviderFactory DefaultProviderFactory();

/// The factory of the script destinations this build writes (MySQL statements).
ScriptDestinationFactory DefaultScriptDestinationFactory();

} // namespace tw::data
