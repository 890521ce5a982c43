// The shared engine library has no code of its own: it is the engine, the
// batch machinery and the columnar layer, linked whole (see CMakeLists.txt),
// so that each process holds one copy of their state.
