#include "run/observers.hpp"

#include "output/classic_files.hpp"

namespace qm {

observer_list registered_observers() {
  observer_list list;
  register_classic_files(list);
  return list;
}

}  // namespace qm
