// Forced into rolm's sources: stands for a warning that a newer compiler gives
// and rolm's own doesn't, which must not break this project's build.
#warning "a warning rolm's own compiler does not give"
