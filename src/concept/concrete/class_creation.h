// Building the class LinearConcreteConcept during module execution.
#pragma once

// Builds the class and binds it in the module dictionary. 0, or -1 with an exception
// set and *failing_line set to the source line of the failing step.
int create_class(int* failing_line);
