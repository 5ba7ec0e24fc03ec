// A point in normalised frame coordinates: x from the left edge, y from the TOP edge, 0 to 1.
#pragma once

namespace tv {

struct Point {
  double x = 0;
  double y = 0;
};

}  // namespace tv
