#include "rtc/EngineWarmUp.hpp"

#include <gst/gst.h>

#include <exception>

#include "rtc/Glib.hpp"

namespace rtc {

EngineWarmUp::EngineWarmUp()
    : thread([] {
          try {
              glib::initialiseGstreamer();
          } catch (const std::exception&) {
              return;
          }
          // The DTLS decoder makes the process's certificate when the first one is created.
          if (GstElement* dtls = gst_element_factory_make("dtlsdec", nullptr)) {
              gst_object_unref(gst_object_ref_sink(dtls));
          }
      }) {}

EngineWarmUp::~EngineWarmUp() {
    if (thread.joinable()) {
        thread.join();
    }
}

}  // namespace rtc
