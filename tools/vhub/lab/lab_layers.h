// Which layers underneath the lab are in this build. The lab grows with
// them: without the plug-and-play manager there is no session to run, and
// without the host's class drivers nothing streams.
#pragma once

#if defined(VHUBLAB_HAVE_HOSTKERNEL) && defined(VHUBLAB_HAVE_VHUBVMIC) && defined(VHUBLAB_HAVE_SDK) && \
    __has_include("hk/pnp.h") && __has_include("hk/io.h")
#define VHUBLAB_HAS_RIG 1
#else
#define VHUBLAB_HAS_RIG 0
#endif

#if VHUBLAB_HAS_RIG && defined(VHUBLAB_HAVE_USBCLASS) && __has_include("usbclass/usbclass.h")
#define VHUBLAB_HAS_HOST 1
#else
#define VHUBLAB_HAS_HOST 0
#endif

#if VHUBLAB_HAS_RIG && __has_include("hk/security.h")
#define VHUBLAB_HAS_SECURITY 1
#else
#define VHUBLAB_HAS_SECURITY 0
#endif
