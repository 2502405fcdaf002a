/*
 * CoreFoundation.h — the whole CoreFoundation layer.
 */
#ifndef __COREFOUNDATION_COREFOUNDATION__
#define __COREFOUNDATION_COREFOUNDATION__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFSet.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFTimeZone.h>
#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFLocale.h>
#include <CoreFoundation/CFUUID.h>
#include <CoreFoundation/CFNumberFormatter.h>
#include <CoreFoundation/CFBundle.h>

#endif /* __COREFOUNDATION_COREFOUNDATION__ */
