// Export macro of the control library (everything else stays hidden).
#pragma once

#include <QtCore/qglobal.h>

#if defined(KVCONTROLS_BUILD)
#define KVCONTROLS_EXPORT Q_DECL_EXPORT
#else
#define KVCONTROLS_EXPORT Q_DECL_IMPORT
#endif
