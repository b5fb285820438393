// A module object that runs code when it is loaded, through a constructor and through a
// dynamic initialiser: the constructor check (cmake/CheckNoConstructors.cmake) must refuse it
// and name both.
extern "C" {
int ctormod_value;
}

static int ctormod_compute(void) { return ctormod_value + 1; }

__attribute__((constructor)) static void ctormod_set_up_early(void) { ctormod_value = 1; }

extern "C" {
int ctormod_derived = ctormod_compute();
}
