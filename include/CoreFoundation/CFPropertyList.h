/*
 * CFPropertyList.h
 */
#ifndef __COREFOUNDATION_CFPROPERTYLIST__
#define __COREFOUNDATION_CFPROPERTYLIST__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN





CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFPROPERTYLIST__ */
