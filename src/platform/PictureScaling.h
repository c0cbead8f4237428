#pragma once
// A large picture scaled on every core: the rows of the new picture are drawn in bands, each by a
// thread of its own, with the same filter as one thread would use. Display-free; any thread (it
// runs threads of its own).

#include "platform/GObjectPtr.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace PictureScaling {

// `picture` scaled to `width` × `height` with a bilinear filter (averaging every pixel it covers
// when made smaller); none when there is no memory for it.
GObjectPtr<GdkPixbuf> scaled(GdkPixbuf* picture, int width, int height);

}  // namespace PictureScaling
