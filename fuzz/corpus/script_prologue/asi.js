"a"
"use strict"
+1